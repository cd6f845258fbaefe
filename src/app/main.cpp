// The desktop program: start-up and the main window.
#include <string>
#include <vector>

#include "app/CSorvantaApp.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  sorvanta::ui::CSorvantaApp app(argc, argv, std::move(args));
  return app.Run();
}
