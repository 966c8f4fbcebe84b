"""python -m halvenor_scb_lib: the operators' command line (see --help)."""

import sys

from halvenor_scb_lib.cli import main

sys.exit(main())
