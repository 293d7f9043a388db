"""``python -m corvane``: the same as the ``corvane`` command."""

from .cli import main

raise SystemExit(main())
