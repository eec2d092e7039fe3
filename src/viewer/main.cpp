// cinepane: plays one KOMU video file in a window.
#include "viewer.h"

int main(int argc, char** argv) { return cinepane_main(argc, argv); }
