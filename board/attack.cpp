#include "board/attack.h"
