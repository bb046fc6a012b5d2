// Prints what the real workspace resolves a name to (nothing when it finds nothing), so that
// tests can run the desktop's lookup under XDG folders of their own: the lookup reads them once
// per process.
//   resolve_app_probe <name>
#include <cstdio>

#include "app_activation.h"
#include "workspace.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  auto workspace = kavri::keysend::makeSharedWorkspace();
  auto path = kavri::keysend::resolveAppURL(argv[1], *workspace);
  if (!path) return 1;
  std::fputs(path->c_str(), stdout);
  auto identifier = workspace->applicationIdentifier(*path);
  std::printf("\n%s", identifier ? identifier->c_str() : "");
  return 0;
}
