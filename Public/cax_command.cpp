#include "Public/cax_command.h"

namespace QARCAX {

CaxCommand::~CaxCommand() = default;

}  // namespace QARCAX
