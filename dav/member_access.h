// Which members of one folder a client may see: each as a GET of that member
// by the same client would be decided. A listing that named what a GET
// refuses would hand out names, sizes and dates the rules keep back.
#pragma once
#include "server/access_decision.h"

#include <optional>
#include <string>
#include <string_view>

class member_access {
  public:
    // `folder` is the folder's local path, ending in "/".
    member_access(const access_client& client, std::wstring folder);

    // The GET answer's status for a member (0 granted, 401, 403). A regular
    // file (no link) with a plain name is decided once per folder when no
    // section of its configuration looks at names: the answer is then the
    // same for every such file.
    int status(std::wstring_view name, bool is_folder, bool regular_file);

  private:
    const access_client& client_;
    std::wstring folder_;
    std::wstring path_;
    std::optional<int> plain_status_;
    cl::sh_ptr<config_info> plain_config_;
};
