#include "app/app.hpp"

int main(int argc, char** argv) { return run_app(argc, argv); }
