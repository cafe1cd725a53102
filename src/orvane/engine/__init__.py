"""The host layer the compiled row accelerator calls into."""
