"""Writers of test and sample files: Compound File Binary containers and the raw-data layouts
inside them. Used by the tests, the bundled samples and the benchmarks; not part of tavrik."""
