"""The main job: build a tokenizer over the default corpus and show it."""

import wrenmark


def main() -> None:
    tokenizer = wrenmark.BpeTokenizer(
        "build/corpus/default.txt", 1000, wrenmark.PreTokenization.whitespace()
    )
    print(tokenizer)


if __name__ == "__main__":
    main()
