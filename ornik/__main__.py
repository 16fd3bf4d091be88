"""``python -m ornik`` and the ``ornik`` console script."""

from ._cli import main

if __name__ == "__main__":
    raise SystemExit(main())
