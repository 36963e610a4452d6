#include "board/movegen.h"
