"""`python -m wrenmark`: the same command line as `wrenmark`."""

import sys

from wrenmark.cli import main

sys.exit(main())
