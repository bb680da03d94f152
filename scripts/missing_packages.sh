# Sourced by the scripts that install what they need: missing_packages NAME... sets the array
# `missing` to those of the named Debian packages that are not installed, in the order given.
missing_packages() {
    missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
}
