#include "universal/VixScript.h"

#include "Common/DBTypes.h"

namespace vix {

TVixScript::TVixScript() {
  FQuery.SetName(u"ScriptQuery");
  SetDataSet(&FQuery);
}

TVixScript::~TVixScript() {
  FQuery.Close();
}

void TVixScript::SetConnection(TVixConnection* value) {
  if (value == FConnection) return;
  FQuery.Close();
  FConnection = value;
  FQuery.SetConnection(value);
}

void TVixScript::BeforeRun() {
  if (!FConnection) throw EDatabaseError(u"Connection is not defined");
  SetProcessor(FConnection->CheckProvider().CreateScriptProcessor());
}

const std::vector<TScriptStatement>& TVixScript::Statements() {
  if (FConnection && FConnection->GetProvider()) SetProcessor(FConnection->GetProvider()->CreateScriptProcessor());
  return TDAScript::Statements();
}

}  // namespace vix
