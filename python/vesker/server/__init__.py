"""`vesker serve`: a local web server with a browser view of one store (and a baseline)."""
