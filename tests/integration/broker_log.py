"""The broker log reader lives in the test bed; this name stays for the tests that import it so."""
from testbed.broker_log import Publication, Session, publications, read, sessions  # noqa: F401
