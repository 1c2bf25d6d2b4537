#include "job_options.h"

JobOptions& jobOptions() {
    static JobOptions options;
    return options;
}
