#include "board/position.h"
