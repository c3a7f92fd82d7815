poweroff -f
