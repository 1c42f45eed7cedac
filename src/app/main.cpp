#include "app/entry.h"

int main(int argc, char** argv) { return tl::processEntry(argc, argv); }
