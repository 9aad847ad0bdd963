// Keeps the system library non-empty while it has no other sources.
