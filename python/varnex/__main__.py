"""`python -m varnex`: the same command as the `varnex` console script."""

import sys

from varnex.cli import main

sys.exit(main())
