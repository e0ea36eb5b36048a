#!/usr/bin/env bash
# Parses the administrative template and its language file, checks that every
# reference in it resolves, and prints what its one policy sets:
#   HKLM\<key>	<value name>	<enabled value>
# Exits 1 with the reasons when the files do not parse or a reference is dangling.
#
# Usage: policy_template.sh <admx> <adml>
set -uo pipefail
admx=${1:?usage: policy_template.sh <admx> <adml>} adml=${2:?usage: policy_template.sh <admx> <adml>}
problems=0
problem() { echo "policy template: $*" >&2; problems=$((problems + 1)); }

for file in "$admx" "$adml"; do
    xmllint --noout "$file" 2>/dev/null || { problem "$file does not parse"; exit 1; }
done

# values <file> <xpath over local names>: one value per line.
values() { xmllint --xpath "$2" "$1" 2>/dev/null | sed -n 's/^ *[a-zA-Z]*="\(.*\)"$/\1/p'; }
el() { printf "*[local-name()='%s']" "$1"; }

strings=$(values "$adml" "//$(el stringTable)/$(el string)/@id")
presentations=$(values "$adml" "//$(el presentationTable)/$(el presentation)/@id")
categories=$(values "$admx" "//$(el categories)/$(el category)/@name")
definitions=$(values "$admx" "//$(el supportedOn)//$(el definition)/@name")

# Every $(string.X) and $(presentation.X) in the template names an entry of the language file.
while IFS= read -r ref; do
    [ -n "$ref" ] || continue
    kind=${ref%%.*} id=${ref#*.}
    case $kind in
        string) grep -qxF -- "$id" <<<"$strings" || problem "no string '$id' in $adml" ;;
        presentation) grep -qxF -- "$id" <<<"$presentations" || problem "no presentation '$id' in $adml" ;;
        *) problem "unknown reference \$($ref)" ;;
    esac
done < <(grep -o '\$([a-z]*\.[A-Za-z0-9_]*)' "$admx" | sed 's/^\$(\(.*\))$/\1/' | sort -u)

while IFS= read -r ref; do
    [ -n "$ref" ] && ! grep -qxF -- "$ref" <<<"$categories" && problem "no category '$ref'"
done < <(values "$admx" "//$(el parentCategory)/@ref")
while IFS= read -r ref; do
    [ -n "$ref" ] && ! grep -qxF -- "$ref" <<<"$definitions" && problem "no supportedOn definition '$ref'"
done < <(values "$admx" "//$(el policy)/$(el supportedOn)/@ref")

[ "$(xmllint --xpath "count(//$(el policy))" "$admx" 2>/dev/null)" = 1 ] ||
    problem "expected exactly one policy"
key=$(values "$admx" "//$(el policy)/@key")
name=$(values "$admx" "//$(el policy)/@valueName")
class=$(values "$admx" "//$(el policy)/@class")
enabled=$(values "$admx" "//$(el policy)/$(el enabledValue)/$(el decimal)/@value")
disabled=$(values "$admx" "//$(el policy)/$(el disabledValue)/$(el decimal)/@value")
[ "$class" = Machine ] || problem "the policy is for class '$class', not Machine"
[ -n "$key" ] && [ -n "$name" ] || problem "the policy names no key or value"
[ "$enabled" = 1 ] && [ "$disabled" = 0 ] || problem "enabled/disabled values are '$enabled'/'$disabled', not 1/0"

[ "$problems" -eq 0 ] || exit 1
printf 'HKLM\\%s\t%s\t%s\n' "$key" "$name" "$enabled"
