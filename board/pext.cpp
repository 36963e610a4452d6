#include "board/pext.h"
