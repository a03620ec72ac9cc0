#include "ui/dialogs/frmhelp.h"
