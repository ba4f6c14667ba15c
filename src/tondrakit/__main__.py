"""``python -m tondrakit``: the same as the ``tondrakit`` command."""

from ._cli import main

raise SystemExit(main())
