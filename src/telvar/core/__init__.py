"""The core of telvar: the plugin manager and its errors."""
