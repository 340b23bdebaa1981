#include "recorder/update/update_checker.h"

namespace orvweb::update {

UpdateServices RealUpdateServices(std::shared_ptr<UpdateUi> ui) {
  UpdateServices services;
  services.openSession = [] { return platform::http::MakeCurlClient(); };
  services.ui = std::move(ui);
  return services;
}

}  // namespace orvweb::update
