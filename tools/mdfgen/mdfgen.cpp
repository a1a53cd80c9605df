// Database-file generator (placeholder until the generator lands).
