// Keeps the library non-empty until the server lands.
