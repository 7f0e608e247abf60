"""``python -m gridweave``: the command line of :mod:`gridweave.cli`."""

from gridweave.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
