#include "storage/modpara.h"
