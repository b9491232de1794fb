import sys

from nivra.cli import main

sys.exit(main())
