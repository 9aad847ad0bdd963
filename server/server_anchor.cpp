// Keeps the server library non-empty while it has no other sources.
