#include "host/UnServer.h"

int main(int argc, char** argv) {
    return merivo::RunServer(argc, argv);
}
