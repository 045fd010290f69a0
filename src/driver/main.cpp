#include "driver/driver.h"

int main(int argc, char **argv) { vardo::driver_main(argc, argv); }
