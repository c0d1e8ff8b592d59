"""``python -m corvane``: the same as the ``corvane`` command."""

import sys

from corvane.attach import main

sys.exit(main())
