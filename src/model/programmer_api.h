// The programming library's C interface, declared by the library itself.
#include "../../programmer/programmer_api.h"
