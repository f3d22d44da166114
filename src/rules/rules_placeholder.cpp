// Keeps the library non-empty until its rules land.
