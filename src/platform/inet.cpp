#include "platform/inet.h"
