#include "app/AmbrelApp.h"

int main(int argc, char** argv) { return ambrel::AmbrelApp::main(argc, argv); }
