#include "board/move.h"
