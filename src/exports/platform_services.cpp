#include "exports/services.h"

namespace connwalk {

Services PlatformServices() { return Services{PlatformAgent(), PlatformNames()}; }

}  // namespace connwalk
