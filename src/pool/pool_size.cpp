// placeholder, replaced by the pool implementation
