"""Runs the drux command: ``python -m drux``. Nothing else lives here."""

from .cli import main

raise SystemExit(main())
