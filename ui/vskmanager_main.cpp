#include <string>
#include <vector>

#include "server/server_app.h"
#include "ui/windowed_server.h"

int main(int argc, char** argv) {
    return vsk::RunServerProcess(std::vector<std::string>(argv + 1, argv + argc),
                                 vsk::ui::RunWindowedServer);
}
