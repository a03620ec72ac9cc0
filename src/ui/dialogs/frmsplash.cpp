#include "ui/dialogs/frmsplash.h"
