#include "support/support_module.h"

void activateSupportModule() {}
