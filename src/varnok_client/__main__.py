"""``python -m varnok_client``: the ``varnok`` command line."""

import sys

from .cli import main

sys.exit(main())
