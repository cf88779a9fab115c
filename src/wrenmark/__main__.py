"""`python -m wrenmark`: the same command line as `wrenmark`."""

import sys

from wrenmark.cli import main

# Guarded, so that importing the module (as type checkers do) runs nothing.
if __name__ == "__main__":
    sys.exit(main())
