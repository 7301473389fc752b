# The native clock against a scripted counter and wall clock.
varnok_interposing_test(clock_test clock_test.cc)
