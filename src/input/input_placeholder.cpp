// Keeps the library non-empty until the loops land.
