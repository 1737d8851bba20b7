"""An external telvar plugin: connections to "gamma" devices."""
