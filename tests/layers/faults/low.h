#pragma once

#include "high.h"
