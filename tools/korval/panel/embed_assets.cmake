# Writes the panel's web files into one C++ source, so that the korval tool carries its page.
#   cmake -DOUT=assets.cpp -DFILES="a.html|b.js" -P embed_assets.cmake
string(REPLACE "|" ";" FILES "${FILES}")
set(body "")
set(table "")
set(n 0)
foreach(file IN LISTS FILES)
  get_filename_component(name "${file}" NAME)
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  else()
    set(type "text/plain; charset=utf-8")
  endif()
  file(READ "${file}" hex HEX)
  file(SIZE "${file}" size)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  string(REGEX REPLACE "((0x..,){32})" "\\1\n" hex "${hex}")
  string(APPEND body "const unsigned char kData${n}[] = {\n${hex}0};\n")
  string(APPEND table "    {\"${name}\", \"${type}\", kData${n}, ${size}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE "${OUT}.tmp" "// Generated from tools/korval/panel/web by embed_assets.cmake: do not edit.
#include <cstring>

#include \"panel.h\"

namespace korval::tool::panel {

namespace {

${body}
const Asset kAssets[] = {
${table}};

}  // namespace

const Asset* find_asset(std::string_view name)
{
    for (const Asset& a : kAssets)
        if (name == a.name) return &a;
    return nullptr;
}

}  // namespace korval::tool::panel
")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
