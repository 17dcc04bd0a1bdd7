#!/usr/bin/python3

# Copyright 2026 Velmora robotics team
#
# Licensed under the Apache License, Version 2.0 (the "License");
# you may not use this file except in compliance with the License.
# You may obtain a copy of the License at
#
#     http://www.apache.org/licenses/LICENSE-2.0
#
# Unless required by applicable law or agreed to in writing, software
# distributed under the License is distributed on an "AS IS" BASIS,
# WITHOUT WARRANTIES OR CONDITIONS OF ANY KIND, either express or implied.
# See the License for the specific language governing permissions and
# limitations under the License.

"""
Every key the model configuration and recording readers take is documented in README.md.

  check_readme.py PACKAGE   PACKAGE is the package's source folder; nothing outside it is read
"""
import re
import sys
from pathlib import Path


def keys_read_by_code(package):
    src = package / "src"
    keys = {}
    for key in re.findall(r'reader\.(?:text|integer|fraction|has|required)\("([a-z_]+)"',
                          (src / "model_config.cpp").read_text(encoding="utf-8")):
        keys.setdefault(key, "model_config.cpp")
    for key in re.findall(r'\["([a-z_]+)"\]', (src / "recording.cpp").read_text(encoding="utf-8")):
        keys.setdefault(key, "recording.cpp")
    return keys


def main():
    package = Path(sys.argv[1])
    readme = (package / "README.md").read_text(encoding="utf-8")
    keys = keys_read_by_code(package)
    problems = []
    if len(keys) < 15:
        problems.append(f"only {len(keys)} keys found in the sources: the scan is broken")
    documented = set(re.findall(r"`([a-z_]+)`", readme))
    documented |= set(re.findall(r"^\s*(?:- )?\{?([a-z_]+):", readme, re.MULTILINE))
    documented |= set(re.findall(r"[{,]\s*([a-z_]+):", readme))
    problems += [f"key '{key}' (read in {where}) is missing from README.md"
                 for key, where in sorted(keys.items()) if key not in documented]
    for problem in problems:
        print(problem)
    print(f"readme keys: {'ok' if not problems else str(len(problems)) + ' problems'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
