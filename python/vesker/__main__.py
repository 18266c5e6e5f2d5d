from vesker.cli import main

raise SystemExit(main())
