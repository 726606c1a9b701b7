#include "service/service.h"

int main(int argc, char** argv) { return tarnwick::ServiceEntry(argc, argv); }
