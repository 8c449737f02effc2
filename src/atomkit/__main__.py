# `python -m atomkit`: the same command line as the `atomkit` console script.
import sys

from atomkit.cli.start import main

sys.exit(main())
