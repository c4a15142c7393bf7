# Bash completion for vurn: option names, file names for operands and for the arguments of -k, -m
# and -o, and the three sizes for -K and -b. Long options are recognised by any unambiguous prefix,
# as vurn itself does, and in the --option=value form. Works with or without the bash-completion
# package.

_vurn_long_options='--encrypt --decrypt --make_key --key --keysize --blocksize --stdout --verbose
--help --version'
_vurn_short_options='-e -d -m -k -K -b -c -o -z -i -r -v -h -V'

# What the word after the option $1 is: "file", "size", "other" (an argument that takes no
# completion), or "none" when $1 takes no argument.
_vurn_argument_kind() {
  local word=$1
  case $word in
    --key | --m*) echo file ;;
    --keys* | --b*) echo size ;;
    --s*) echo other ;;
    --*) echo none ;;
    -?*)
      # A cluster of short options: the first letter that takes an argument takes the rest of the
      # word, so the next word is its argument only when that letter ends the cluster.
      local i letter
      for ((i = 1; i < ${#word}; i++)); do
        letter=${word:i:1}
        case $letter in
          k | m | o | K | b | f)
            if ((i + 1 < ${#word})); then
              echo none
            else
              case $letter in
                k | m | o) echo file ;;
                K | b) echo size ;;
                *) echo other ;;
              esac
            fi
            return
            ;;
        esac
      done
      echo none
      ;;
    *) echo none ;;
  esac
}

_vurn_complete_files() {
  compopt -o filenames 2>/dev/null
  mapfile -t COMPREPLY < <(compgen -f -- "$1")
}

_vurn() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local option=
  COMPREPLY=()
  if ((COMP_CWORD >= 1)); then option=${COMP_WORDS[COMP_CWORD - 1]}; fi
  # --key=value: with '=' in COMP_WORDBREAKS the '=' is a word of its own, otherwise it is part of
  # the current word.
  if [[ $option == = ]] && ((COMP_CWORD >= 2)); then
    option=${COMP_WORDS[COMP_CWORD - 2]}
  elif [[ $cur == --*=* ]]; then
    option=${cur%%=*}
    cur=${cur#*=}
  fi

  # A word after "--" is an operand, whatever it looks like.
  local i
  for ((i = 1; i < COMP_CWORD; i++)); do
    if [[ ${COMP_WORDS[i]} == -- ]]; then
      _vurn_complete_files "$cur"
      return
    fi
  done

  if [[ -n $option ]]; then
    case $(_vurn_argument_kind "$option") in
      file)
        _vurn_complete_files "$cur"
        return
        ;;
      size)
        mapfile -t COMPREPLY < <(compgen -W '128 192 256' -- "$cur")
        return
        ;;
      other) return ;;
    esac
  fi

  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$_vurn_long_options $_vurn_short_options" -- "$cur")
    return
  fi
  _vurn_complete_files "$cur"
}

complete -F _vurn vurn
