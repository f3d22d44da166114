// Keeps the library non-empty until accounts land.
