"""orvane: data access whose result handling runs on native accelerators."""
