// The process entry: the service takes no arguments and no options.

#include "service/service.h"

int
main()
{
    return service_run();
}
