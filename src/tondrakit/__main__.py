"""``python -m tondrakit``: the same as the ``tondrakit`` command."""

from ._cli import main

if __name__ == "__main__":  # not when merely imported (by a doctest collector, say)
    raise SystemExit(main())
