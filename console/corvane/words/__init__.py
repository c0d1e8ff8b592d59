"""The console's own words, one module each, found through one registry (:mod:`.registry`)."""
