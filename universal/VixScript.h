// The universal script component: a script run on a universal connection,
// cut by the rules of the connection's provider.
#pragma once

#include "Common/DAScript.h"
#include "universal/Vix.h"

namespace vix {

class TVixScript : public TDAScript {
 public:
  TVixScript();
  ~TVixScript() override;

  // The connection the statements run on (not owned). The provider's
  // script rules are taken at every Execute.
  TVixConnection* GetConnection() const { return FConnection; }
  void SetConnection(TVixConnection* value);

  // The statements as the provider's rules cut them.
  const std::vector<TScriptStatement>& Statements();

 protected:
  void BeforeRun() override;

 private:
  TVixConnection* FConnection = nullptr;
  TVixQuery FQuery;
};

}  // namespace vix
