#include "search/tt.h"
