# `python -m atomkit`: the same command line as the `atomkit` console script.
import sys

from atomkit._cli_start import main

sys.exit(main())
