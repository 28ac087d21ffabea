#include "common/Outcome.h"

namespace pinfile {

int ExitStatus(Outcome outcome) {
    switch (outcome) {
        case Outcome::Done:
            return 0;
        case Outcome::Queued:
            return kQueuedExitStatus;
        case Outcome::Failed:
            return 1;
        case Outcome::UsageShown:
            return 2;
    }
    return kRunTimeErrorExitStatus;
}

}  // namespace pinfile
