/* The code of a data-only PE file that carries a test version resource. */
int VersionFixture(void) { return 0; }
