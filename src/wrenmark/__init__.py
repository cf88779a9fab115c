""
# The module's docstring is empty, as the extension's own is. The compiled extension,
# wrenmark.wrenmark, holds the classes; the package re-exports them so that submodules written in
# Python can sit beside it, each loaded only when imported by name.

# The names are bound in the order of __all__, which is the order the module lists them in.
from .wrenmark import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod, Encoder, TokenType

__all__ = ["BpeTokenizer", "PreTokenization", "SpecialTokenRemovalMethod", "Encoder", "TokenType"]

# Importing the extension binds it as an attribute of the package; it is not part of the surface.
del wrenmark  # noqa: F821
