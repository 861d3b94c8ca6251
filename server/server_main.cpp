#include <string>
#include <vector>

#include "server/server_app.h"

int main(int argc, char** argv) {
    return vsk::RunServerProcess(std::vector<std::string>(argv + 1, argv + argc));
}
