// The stylesheet and the script of the browsable pages, served by the
// program itself so that the pages need nothing beside it and the content
// security policy allows only the site's own files. The script only adds
// copy buttons: every page works without it.
#include <cstring>
#include <string>

#include "edge/tw_cgi.h"
#include "endpoint/ui.h"

namespace {

const char kStyle[] = R"CSS(:root { color-scheme: light dark; --line: #8884; --accent: #2563eb; }
body { font: 15px/1.45 system-ui, sans-serif; margin: 0; }
header { padding: .6rem 1.2rem; border-bottom: 1px solid var(--line); }
header a { color: inherit; font-weight: 600; text-decoration: none; }
header .user { float: right; opacity: .7; }
main { padding: 1rem 1.2rem; max-width: 80rem; }
h1 { font-size: 1.4rem; word-break: break-all; }
h2 { font-size: 1.15rem; margin-top: 1.6rem; }
h3 { font-size: 1rem; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: .3rem .5rem; border-bottom: 1px solid var(--line);
         vertical-align: top; overflow-wrap: anywhere; }
table.facts th { width: 12rem; }
code { font: 13px ui-monospace, monospace; }
a { color: var(--accent); }
meter { width: 10rem; }
dl { margin: 0; } dt { font-weight: 600; } dd { margin: 0 0 .3rem 1rem; }
form.filter { margin: .5rem 0 1rem; }
input[type=search] { padding: .3rem; min-width: 16rem; }
a.delete, #confirm-delete { color: #b91c1c; }
#confirm-delete { padding: .3rem .9rem; margin-right: 1rem; }
button.copy { font-size: 12px; }
p.error { color: #b91c1c; }
span.none { opacity: 0.6; }
ul { padding-left: 1.2rem; }
)CSS";

const char kScript[] = R"JS(// Copy buttons beside the pull commands; without this script the
// commands are still there to select.
document.querySelectorAll('button.copy').forEach(function (button) {
  if (!navigator.clipboard) return;
  button.hidden = false;
  button.addEventListener('click', function () {
    navigator.clipboard.writeText(button.getAttribute('data-copy')).then(function () {
      button.textContent = 'Copied';
      setTimeout(function () { button.textContent = 'Copy'; }, 1500);
    });
  });
});
)JS";

}  // namespace

void ui_asset(const UiRoute &route) {
    bool style = route.reference == "style.css";
    const char *text = style ? kStyle : kScript;
    ui_head(200, "OK");
    cgi_header_ct(style ? "text/css; charset=utf-8" : "text/javascript; charset=utf-8");
    cgi_header_extra("Cache-Control: public, max-age=3600");
    std::string length = "Content-Length: " + std::to_string(strlen(text));
    cgi_header_extra(length.c_str());
    cgi_headers_end();
    if (strcmp(cgi_method(), "HEAD") != 0) fputs(text, stdout);
    fflush(stdout);
}
