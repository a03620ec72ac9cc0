#include "ui/dialogs/frmoptions.h"
