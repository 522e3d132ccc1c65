"""pytest plugin for runs under user-mode emulation, several times slower
than native: hypothesis examples get no deadline (what they test is the
answers, never the time taken)."""
from hypothesis import settings

settings.register_profile("emulated", deadline=None)
settings.load_profile("emulated")
