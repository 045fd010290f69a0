#include "driver/settings.h"

namespace vardo {

Settings settings;

} // namespace vardo
