// Keeps the library non-empty until saves land.
