// The process entry: the service takes no arguments and no options.

#include <cstdio>
#include <cstdlib>

#include "common/log.h"
#include "service/service.h"

int
main()
{
    int status = service_run();
    // The thread pool's workers are never joined and may still be inside a job that reads the
    // configuration and the filter lists. Returning would destroy those objects under them:
    // write what is pending and end the process without running static destructors.
    log_flush();
    std::fflush(nullptr);
    std::_Exit(status);
}
