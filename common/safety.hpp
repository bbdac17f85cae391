// Guards that keep a forecaster's files and state sound when something goes wrong, one header per
// concern; this one brings them all to the trainers. Each guard is one call at its call site.
#pragma once

#include "common/column_checks.hpp"
#include "common/interrupt.hpp"
#include "common/signals.hpp"
#include "common/training_snapshot.hpp"
#include "common/weight_files.hpp"
