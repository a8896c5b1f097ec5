# scanlog-tsv.awk: turns saplugin's scan log (CSV, as RFC 4180 writes it) into
# tab-separated lines, one record a line, without the quotes and the
# byte-order mark, for cut, sort, uniq and awk -F'\t'. No field holds a tab.
# The header row is printed once, from the first file.
#
#   awk -f scanlog-tsv.awk saplugin-*.csv | cut -f5,6 | sort | uniq -c
{
  sub(/\r$/, "")
  if (FNR == 1) {
    if (NR != 1) next
    mark = "\357\273\277"
    if (index($0, mark) == 1) $0 = substr($0, length(mark) + 1)
  }
  out = ""
  field = ""
  quoted = 0
  for (i = 1; i <= length($0); i++) {
    c = substr($0, i, 1)
    if (c == "\"") {
      if (quoted && substr($0, i + 1, 1) == "\"") {
        field = field c
        i++
      } else {
        quoted = !quoted
      }
    } else if (c == "," && !quoted) {
      out = out field "\t"
      field = ""
    } else {
      field = field c
    }
  }
  print out field
}
