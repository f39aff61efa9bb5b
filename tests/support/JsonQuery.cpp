#include "JsonQuery.h"

#include "IsolatedHome.h"
#include "Process.h"

std::string JsonQuery(const std::string& document, const std::string& expression)
{
    TempDir dir;
    WriteFileText(dir.file("doc.json"), document);
    WriteFileText(dir.file("expr"), expression);
    WriteFileText(dir.file("query.py"), "import json, sys\n"
                                        "try:\n"
                                        "    d = json.loads(open(sys.argv[1], encoding='utf-8').read())\n"
                                        "except Exception as e:\n"
                                        "    print('NOT JSON:', e)\n"
                                        "    sys.exit(0)\n"
                                        "print(ascii(eval(open(sys.argv[2]).read())))\n");
    ProcessResult r = RunProcess({"python3", dir.file("query.py"), dir.file("doc.json"), dir.file("expr")});
    std::string out = r.exit_code == 0 ? r.out : "QUERY FAILED: " + r.err;
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}
