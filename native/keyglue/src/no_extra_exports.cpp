#include "addon.h"

namespace kavri::keyglue {

void addExtraExports(Napi::Env, Napi::Object) {}

}  // namespace kavri::keyglue
